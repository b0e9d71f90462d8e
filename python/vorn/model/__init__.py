"""The circuit model, vorn's lowest floor: circuits and their instructions
(if/else blocks included), gates made from the engine's table, parameters,
Pauli sums and noise models. It imports nothing of vorn above it."""
