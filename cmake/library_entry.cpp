// The shared library is the whole of velkor_core; this unit only gives the target a source.
