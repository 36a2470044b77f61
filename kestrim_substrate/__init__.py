"""RFC 8785 canonical JSON and its SHA-256, written natively.

Other extensions reach the same functions without Python call overhead through the capsule
``kestrim_substrate._jcs._C_API``, laid out in jcs_capi.hpp (in the source distribution, not
the wheel).
"""

# One release number for the whole distribution, written once.
from kestrim_delegation_ref._version import __version__

from ._jcs import canonicalize, sha256_jcs

__all__ = ["canonicalize", "sha256_jcs"]
