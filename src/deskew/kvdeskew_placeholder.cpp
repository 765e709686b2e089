// The deskew engine library; its sources are listed in CMakeLists.txt.
