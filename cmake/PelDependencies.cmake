# Every third-party library the project uses, found once here.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
find_package(nlohmann_json 3 REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(LibXml2 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(CURL REQUIRED)

if(PEL_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(PEL_BUILD_BENCHMARKS)
  find_package(benchmark REQUIRED)
endif()

# Qt serves the user interface only: the widget kit, the screens and the
# program entry. The plain-C++ libraries never see it.
if(PEL_BUILD_UI)
  find_package(Qt6 REQUIRED COMPONENTS Widgets)
  find_package(Qt6 REQUIRED COMPONENTS Pdf PdfWidgets PrintSupport)
  if(PEL_BUILD_TESTS)
    find_package(Qt6 REQUIRED COMPONENTS Test)
  endif()
endif()
