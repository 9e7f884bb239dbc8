"""Container adapters: map a registry meter to the address of its mediator."""
