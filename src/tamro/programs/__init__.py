"""The tamro-* programs: each a package of its own (``tamro-doctor`` is ``tamro.programs.doctor``,
runnable as ``python -m tamro.programs.doctor``), built only on tamro's public API. What they
share (the network options, the signals that stop them) is in ``_cli``."""
