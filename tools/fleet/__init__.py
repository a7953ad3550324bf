"""The fleet check: its client (run inside qmr-host), its history checker and its driver."""
