"""Execution: options checked into one request, the one lowering of a
circuit, the engines and their results. Above the circuit model only."""
