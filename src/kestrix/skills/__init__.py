"""Skill installation for agent runtimes."""
