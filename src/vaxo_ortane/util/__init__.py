"""Shared helpers of the fleet jobs: structured logging and the registry client."""
