"""Loading a built extension from a folder of its own, so that several builds of it can be
timed side by side in one process (compare_builds.py, compare_delegation_builds.py,
compare_refs.py, large_objects.py)."""

import importlib.util
import os


def load_build(directory, prefix, name):
    """The one `prefix*.so` in directory, imported as the module `name`."""
    files = [f for f in os.listdir(directory) if f.startswith(prefix) and f.endswith(".so")]
    if len(files) != 1:
        raise SystemExit(f"{directory}: expected one {prefix}*.so, found {files}")
    spec = importlib.util.spec_from_file_location(name, os.path.join(directory, files[0]))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
