"""Content-addressed references for delegations between agents.

The native module ``kestrim_delegation_ref.delegation_ref`` holds the public API
(``delegation_ref``, ``tamper_detected``, ``verify_chain``, ``DelegationRefError``,
``SHA256_PREFIX``). It is not re-exported here: the function ``delegation_ref`` would
shadow the submodule of the same name.
"""

from kestrim_delegation_ref._version import __version__

__all__ = ["__version__"]
