# The --simulate SPEC parser; a SPEC that parses is written back and must parse to the same.
tessarin_fuzz_target(fuzz_sim_spec ${CMAKE_CURRENT_LIST_DIR}/sim_spec_fuzz.cpp tessarin_sim)
