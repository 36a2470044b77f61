"""`python -m kestrim_delegation_ref`: see kestrim_delegation_ref.cli."""

from kestrim_delegation_ref.cli import main

raise SystemExit(main())
