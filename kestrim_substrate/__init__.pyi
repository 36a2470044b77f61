"""RFC 8785 canonical JSON and its SHA-256 (native)."""

from kestrim_delegation_ref._version import __version__ as __version__
from kestrim_substrate._jcs import canonicalize as canonicalize, sha256_jcs as sha256_jcs

__all__ = ["canonicalize", "sha256_jcs"]
