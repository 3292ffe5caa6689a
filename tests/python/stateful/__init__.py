"""Property tests: random sequences of calls checked against a model."""
