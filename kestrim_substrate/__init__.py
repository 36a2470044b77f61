"""RFC 8785 canonical JSON and its SHA-256, written natively.

Other extensions reach the same functions without Python call overhead through the capsule
``kestrim_substrate._jcs._C_API`` (see jcs_capi.hpp).
"""

from ._jcs import canonicalize, sha256_jcs

__all__ = ["canonicalize", "sha256_jcs"]
