"""Stand-in for the Zelto SDK: warrants, the ``guard`` decorator and its approval gate."""

from .approval import ApprovalDenied, ApprovalRequest
from .decorators import GuardBuilder, guard
from .warrant import Warrant, WarrantError

__all__ = ["ApprovalDenied", "ApprovalRequest", "GuardBuilder", "Warrant", "WarrantError", "guard"]
