"""kestrix: installs skills for AI coding agents (the parts this package carries)."""
