// The batch front end library; its sources are listed in CMakeLists.txt.
