# The keys, certificates and fingerprints a build trusts, compiled in from a
# folder of public files:
#
#   data-signing.pub.der      RSA-1536 key of signed data files and detached
#                             signatures (PKCS#1 RSAPublicKey DER, 204 bytes)
#   manifest-signing.pub.der  RSA-2048 key of the download manifest
#                             (SubjectPublicKeyInfo DER, 294 bytes)
#   *.cert.der                the certificates package chains must end at
#   package-signing.sha256    SHA-256 (64 hex digits) of the package-signing
#                             certificate
#   safari-signing.sha256     SHA-256 of the signing certificate whose common
#                             name contains "Safari"
#
# Development builds take dev-keys/trusted; a release build names its own
# folder with -DPEL_TRUSTED_KEYS_DIR=... . A folder holding anything that looks
# like a private key is refused. A build that trusts any development file says
# so (PelSignatureTrustsDevelopmentKeys()).
#
# Also runs as a script, for tests:
#   cmake -DKEYS_DIR=... -DDEV_KEYS_DIR=... -DTEMPLATE=... -DOUTPUT=... -P PelTrustedKeys.cmake

# pel_trusted_keys_hex_array(<out> <file>): the file's bytes as "0x.., 0x.., ...".
function(pel_trusted_keys_hex_array out file)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " list "${hex}")
  # Twelve bytes a line (CMake's expressions have no counted repeats).
  string(REPEAT "0x[0-9a-f][0-9a-f], " 11 line)
  string(REGEX REPLACE "(${line}0x[0-9a-f][0-9a-f],) " "\\1\n    " list "${list}")
  string(REGEX REPLACE ", *\n? *$" "" list "${list}")
  set(${out} "    ${list}" PARENT_SCOPE)
endfunction()

# pel_trusted_keys_fingerprint(<out> <file>): a fingerprint file as a byte list.
function(pel_trusted_keys_fingerprint out file)
  file(READ "${file}" text)
  string(STRIP "${text}" text)
  string(TOLOWER "${text}" text)
  if(NOT text MATCHES "^[0-9a-f]+$")
    message(FATAL_ERROR "Trusted keys: ${file} must hold 64 hexadecimal digits")
  endif()
  string(LENGTH "${text}" length)
  if(NOT length EQUAL 64)
    message(FATAL_ERROR "Trusted keys: ${file} must hold 64 hexadecimal digits")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " list "${text}")
  string(REGEX REPLACE ", $" "" list "${list}")
  set(${out} "${list}" PARENT_SCOPE)
endfunction()

# pel_trusted_keys_check_size(<file> <bytes> <what>)
function(pel_trusted_keys_check_size file bytes what)
  file(SIZE "${file}" size)
  if(NOT size EQUAL bytes)
    message(FATAL_ERROR "Trusted keys: ${file} is ${size} bytes; ${what} is ${bytes}")
  endif()
endfunction()

# pel_generate_trusted_keys_source(<keys-dir> <dev-keys-dir> <template> <output> [<depends-var>])
# Writes the trust source for the folder; <depends-var> receives the files read.
function(pel_generate_trusted_keys_source dir dev_dir template output)
  get_filename_component(dir "${dir}" ABSOLUTE)
  get_filename_component(dev_dir "${dev_dir}" ABSOLUTE)
  set(data_key "${dir}/data-signing.pub.der")
  set(manifest_key "${dir}/manifest-signing.pub.der")
  set(package_print "${dir}/package-signing.sha256")
  set(safari_print "${dir}/safari-signing.sha256")
  foreach(required IN ITEMS "${data_key}" "${manifest_key}" "${package_print}" "${safari_print}")
    if(NOT EXISTS "${required}")
      message(FATAL_ERROR "Trusted keys: ${required} is missing")
    endif()
  endforeach()
  file(GLOB anchors "${dir}/*.cert.der")
  list(SORT anchors)
  if(NOT anchors)
    message(FATAL_ERROR "Trusted keys: ${dir} holds no *.cert.der anchor certificate")
  endif()

  # Only public material may be compiled in.
  file(GLOB everything "${dir}/*")
  foreach(file IN LISTS everything)
    file(STRINGS "${file}" private REGEX "PRIVATE KEY")
    if(private OR file MATCHES "\\.key(\\.|$)")
      message(FATAL_ERROR "Trusted keys: ${file} looks like a private key; "
                          "the folder must hold public keys, certificates and fingerprints only")
    endif()
  endforeach()
  pel_trusted_keys_check_size("${data_key}" 204 "a 1536-bit PKCS#1 RSAPublicKey")
  pel_trusted_keys_check_size("${manifest_key}" 294 "a 2048-bit SubjectPublicKeyInfo")
  foreach(anchor IN LISTS anchors)
    # A certificate is a SEQUENCE whose first element is a SEQUENCE (the
    # signed part); a private key's first element is its version INTEGER.
    file(READ "${anchor}" head LIMIT 6 HEX)
    if(NOT head MATCHES "^3082....30")
      message(FATAL_ERROR "Trusted keys: ${anchor} is not a DER certificate")
    endif()
  endforeach()

  # Any file equal to its development counterpart makes a development build.
  set(development false)
  set(inputs "${data_key}" "${manifest_key}" "${package_print}" "${safari_print}" ${anchors})
  foreach(file IN LISTS inputs)
    get_filename_component(name "${file}" NAME)
    if(EXISTS "${dev_dir}/${name}")
      file(SHA256 "${file}" ours)
      file(SHA256 "${dev_dir}/${name}" theirs)
      if(ours STREQUAL theirs)
        set(development true)
      endif()
    endif()
  endforeach()
  if(dir STREQUAL dev_dir)
    set(development true)
  endif()

  pel_trusted_keys_hex_array(PEL_DATA_KEY_BYTES "${data_key}")
  pel_trusted_keys_hex_array(PEL_MANIFEST_KEY_BYTES "${manifest_key}")
  pel_trusted_keys_fingerprint(PEL_PACKAGE_FINGERPRINT "${package_print}")
  pel_trusted_keys_fingerprint(PEL_SAFARI_FINGERPRINT "${safari_print}")
  set(PEL_ANCHOR_ARRAYS "")
  set(PEL_ANCHOR_LIST "")
  set(index 0)
  foreach(anchor IN LISTS anchors)
    pel_trusted_keys_hex_array(bytes "${anchor}")
    string(APPEND PEL_ANCHOR_ARRAYS "const std::uint8_t kAnchor${index}[] = {\n${bytes}};\n\n")
    string(APPEND PEL_ANCHOR_LIST "    {kAnchor${index}, sizeof kAnchor${index}},\n")
    math(EXPR index "${index} + 1")
  endforeach()
  set(PEL_TRUSTED_KEYS_DEVELOPMENT ${development})
  set(PEL_TRUSTED_KEYS_SOURCE_DIR "${dir}")
  configure_file("${template}" "${output}" @ONLY)
  set_property(GLOBAL PROPERTY PEL_TRUSTS_DEVELOPMENT_KEYS ${development})
  if(ARGC GREATER 4)
    set(${ARGV4} ${inputs} PARENT_SCOPE)
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND KEYS_DIR)
  pel_generate_trusted_keys_source("${KEYS_DIR}" "${DEV_KEYS_DIR}" "${TEMPLATE}" "${OUTPUT}")
endif()
