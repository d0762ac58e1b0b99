"""The listener's OpenTelemetry (OTLP/HTTP) receiver: decoding request bodies, and mapping
spans and log records onto runs and events."""
