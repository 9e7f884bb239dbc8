"""Where the fleet's mediator containers are and which meters they serve."""
