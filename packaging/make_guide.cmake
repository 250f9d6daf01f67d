# The integrator's guide of the Windows zip: a header of its own, then the
# integrator's reference and the field guide as docs/ has them, so docs/
# stays the one source. Run with -DHEADER= -DOUTPUT= -DDOCS=a.md,b.md.
file(READ "${HEADER}" guide)
string(REPLACE "," ";" docs "${DOCS}")
foreach(doc ${docs})
  file(READ "${doc}" text)
  # The guides link to each other and to pictures beside them in docs/;
  # in the zip the picture sits in docs/, and the other guides are not there.
  string(REPLACE "](line-timing.svg)" "](docs/line-timing.svg)" text "${text}")
  string(REGEX REPLACE "\\]\\((integrators|field|gateway|development)\\.md(#[a-z0-9-]*)?\\)" "]" text "${text}")
  string(APPEND guide "\n${text}")
endforeach()
file(WRITE "${OUTPUT}" "${guide}")
