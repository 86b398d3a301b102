// Filled in by the host's section work.
