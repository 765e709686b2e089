// The I/O frame library; its sources are listed in CMakeLists.txt.
