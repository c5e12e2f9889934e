"""Channel-label engine: operation sets, the graph walk and the C++ handler rules."""
