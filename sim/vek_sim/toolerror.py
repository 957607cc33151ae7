"""How a stand-in ends with an error: a message for standard error and a status."""


class ToolExit(Exception):
    def __init__(self, status, message=""):
        super().__init__(message)
        self.status = status
        self.message = message
