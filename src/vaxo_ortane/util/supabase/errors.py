"""The registry client's one error type."""


class RegistryError(Exception):
    """The registry could not be opened or queried.

    Messages name the database and the problem; they never carry a key.
    """
