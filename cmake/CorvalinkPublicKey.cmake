# The RSA public key that the updater trusts, compiled in as a byte array.
#
# CORVALINK_PUBLIC_KEY names the publisher's key: a DER PKCS #1 RSAPublicKey of a 1024-bit key (140 bytes).
# Without it, a throw-away development key pair is made in the build directory and its public half is built
# in, so that the tests and the demo can sign their own files. Such a build trusts nothing the publisher signs.
#
# Sets, for the rest of the project:
#   CORVALINK_PUBLIC_KEY_SOURCE       generated .cpp defining publisherPublicKey (see src/publisherpublickey.h)
#   CORVALINK_DEV_PRIVATE_KEY_PEM     development private key, PEM (empty when the publisher's key is built in)
#   CORVALINK_DEV_PRIVATE_KEY_DER     the same key as DER PKCS #1 RSAPrivateKey (empty likewise)
#   CORVALINK_BUILTIN_PUBLIC_KEY_DER  the public key that is built in (the publisher's or the development one)

set(CORVALINK_PUBLIC_KEY "" CACHE FILEPATH
    "DER PKCS #1 RSAPublicKey (140 bytes) the updater trusts; empty = generate a development key")

set(CORVALINK_DEV_PRIVATE_KEY_PEM "")
set(CORVALINK_DEV_PRIVATE_KEY_DER "")

if(CORVALINK_PUBLIC_KEY)
    get_filename_component(corvalink_key_file "${CORVALINK_PUBLIC_KEY}" ABSOLUTE)
    if(NOT EXISTS "${corvalink_key_file}")
        message(FATAL_ERROR "CORVALINK_PUBLIC_KEY: ${corvalink_key_file} does not exist")
    endif()
else()
    find_program(CORVALINK_OPENSSL openssl REQUIRED)
    set(corvalink_dev_dir "${PROJECT_BINARY_DIR}/devkey")
    set(CORVALINK_DEV_PRIVATE_KEY_PEM "${corvalink_dev_dir}/dev_private.pem")
    set(CORVALINK_DEV_PRIVATE_KEY_DER "${corvalink_dev_dir}/dev_private.der")
    set(corvalink_key_file "${corvalink_dev_dir}/dev_public.der")
    # Made once per build directory: a reconfigure keeps the key, so signed fixtures stay valid.
    if(NOT EXISTS "${corvalink_key_file}" OR NOT EXISTS "${CORVALINK_DEV_PRIVATE_KEY_DER}")
        file(MAKE_DIRECTORY "${corvalink_dev_dir}")
        foreach(corvalink_step
                "genrsa;-out;${CORVALINK_DEV_PRIVATE_KEY_PEM};1024"
                "rsa;-in;${CORVALINK_DEV_PRIVATE_KEY_PEM};-traditional;-outform;DER;-out;${CORVALINK_DEV_PRIVATE_KEY_DER}"
                "rsa;-in;${CORVALINK_DEV_PRIVATE_KEY_PEM};-pubout;-RSAPublicKey_out;-outform;DER;-out;${corvalink_key_file}")
            execute_process(COMMAND "${CORVALINK_OPENSSL}" ${corvalink_step}
                RESULT_VARIABLE corvalink_rc OUTPUT_QUIET ERROR_VARIABLE corvalink_err)
            if(NOT corvalink_rc EQUAL 0)
                file(REMOVE "${corvalink_key_file}" "${CORVALINK_DEV_PRIVATE_KEY_DER}")
                message(FATAL_ERROR "Could not make the development key: ${corvalink_err}")
            endif()
        endforeach()
    endif()
    message(WARNING "CORVALINK_PUBLIC_KEY is not set: this build trusts only the development key in "
        "${corvalink_dev_dir}, not the publisher's key. Set -DCORVALINK_PUBLIC_KEY=<file.der> for a release.")
endif()

file(SIZE "${corvalink_key_file}" corvalink_key_size)
file(READ "${corvalink_key_file}" corvalink_key_hex HEX)
# SEQUENCE of 137 bytes, then INTEGER of 129 bytes: the form of a 1024-bit modulus with a short exponent.
if(NOT corvalink_key_size EQUAL 140 OR NOT corvalink_key_hex MATCHES "^30818902818100")
    message(FATAL_ERROR "${corvalink_key_file} is not a 140-byte DER PKCS #1 RSAPublicKey of a 1024-bit key "
        "(make one with: openssl rsa -in key.pem -pubout -RSAPublicKey_out -outform DER -out key.der)")
endif()
set(CORVALINK_BUILTIN_PUBLIC_KEY_DER "${corvalink_key_file}")

# 12 bytes a line (24 hex digits).
set(corvalink_key_bytes "")
foreach(corvalink_offset RANGE 0 279 24)
    string(SUBSTRING "${corvalink_key_hex}" ${corvalink_offset} 24 corvalink_line)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " corvalink_line "${corvalink_line}")
    string(STRIP "${corvalink_line}" corvalink_line)
    string(APPEND corvalink_key_bytes "    ${corvalink_line}\n")
endforeach()
set(CORVALINK_PUBLIC_KEY_SOURCE "${PROJECT_BINARY_DIR}/generated/publisherpublickey.cpp")
configure_file("${PROJECT_SOURCE_DIR}/cmake/publisherpublickey.cpp.in" "${CORVALINK_PUBLIC_KEY_SOURCE}" @ONLY)
# A changed key file reconfigures, so the program never keeps an old key.
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${corvalink_key_file}")
