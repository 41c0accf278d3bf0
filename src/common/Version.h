#pragma once
// "1.0 (git 1a2b3c4)": the project version and the git description
// of the tree the program was built from. Defined in a file written at
// build time (library kestova_version).
const char* KestovaVersion();
