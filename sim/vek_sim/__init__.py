"""A simulated Mac: stand-ins for Apple's developer tools and attached devices."""
