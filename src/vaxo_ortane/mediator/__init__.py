"""Talking to the mediator services that front the meters."""
