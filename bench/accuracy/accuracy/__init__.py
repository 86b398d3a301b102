"""Accuracy benchmark of turn-taking analysis on generated two-speaker conversations."""
