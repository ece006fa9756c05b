# The installed Pixoran package: the layer libraries as Pixoran::pixoran_<layer>
# and the libraries they need at link time.
include(CMakeFindDependencyMacro)
find_dependency(Qt6 COMPONENTS Core Gui Widgets PrintSupport)
find_dependency(JPEG)
find_dependency(PNG)
find_dependency(ZLIB)
find_dependency(CURL)
find_dependency(PkgConfig)
pkg_check_modules(OPENJPEG REQUIRED IMPORTED_TARGET libopenjp2>=2.5)
pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
include(${CMAKE_CURRENT_LIST_DIR}/PixoranTargets.cmake)
