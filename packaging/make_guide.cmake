# The integrator's guide of the Windows zip: a header of its own, then the
# README from its "For integrators" part to the end, so the README stays the
# one source. Run with -DREADME= -DHEADER= -DOUTPUT=.
file(READ "${README}" readme)
string(FIND "${readme}" "\n## For integrators" start)
if(start EQUAL -1)
  message(FATAL_ERROR "README.md has no '## For integrators' section")
endif()
string(SUBSTRING "${readme}" ${start} -1 part)
file(READ "${HEADER}" header)
file(WRITE "${OUTPUT}" "${header}${part}")
