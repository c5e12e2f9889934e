"""Channel pruning: label engine, pruning information, calibration."""
