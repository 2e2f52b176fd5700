"""Tolerance funnels around reference curves."""
