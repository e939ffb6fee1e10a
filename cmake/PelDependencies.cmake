# Every third-party library the project uses, found once here.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
find_package(nlohmann_json 3 REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(LibXml2 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(CURL REQUIRED)
# Package payloads, downloaded ZIP archives and 7-Zip error payloads.
pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
# 7-Zip headers packed with LZMA are decoded for their bounds check.
pkg_check_modules(LZMA REQUIRED IMPORTED_TARGET liblzma)
find_package(ICU REQUIRED COMPONENTS uc)

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

# protobuf-c: the crash report's message is read with its run-time library;
# protoc-c generates the descriptors from the project's schema.
pkg_check_modules(PROTOBUF_C REQUIRED IMPORTED_TARGET libprotobuf-c)
find_program(PEL_PROTOC_C protoc-c REQUIRED)
