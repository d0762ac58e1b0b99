"""The listener's OTLP/HTTP receiver: request bodies read into plain dicts, and their mapping."""
