"""Shared helpers of the orvane host: settings, data sanitising and lazy imports."""
