"""The parts of the kiv command (kiv.cli): one module per command, and what
they share: reading inputs, checking outputs against a reference, timing,
statistics, plots and traces. docs/kiv-command.md describes the command."""
