"""A Handle subclass for tests that need to see which hooks a Receive called."""

import TamroHardwareAPI as T


class Recorder(T.Handle):
    """Overrides all three hooks and notes every call with its arguments."""

    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *args):
        self.calls.append(("info", args))

    def OnReceiveHandleStatusMessage(self, *args):
        self.calls.append(("status", args))

    def OnReceiveHandleErrorResponse(self, *args):
        self.calls.append(("error", args))
