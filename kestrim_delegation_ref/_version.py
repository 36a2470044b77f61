"""The one place the release number is written: the build reads it, and both packages export it."""

__version__ = "0.2.0"
