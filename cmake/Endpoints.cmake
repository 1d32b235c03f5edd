# Compiled-in endpoints and secrets. The defaults point at the local demo service under
# tests/fixtures, whose TLS keys are generated here, at configure time, so that a fresh checkout
# runs end to end with no outside service. A release for real users sets every variable.

set(LAUNCHER_FIXTURE_PORT 39443 CACHE STRING "Port of the local demo update service")
set(LAUNCHER_CERT_DIR "${CMAKE_BINARY_DIR}/certs")

find_program(OPENSSL_EXECUTABLE openssl REQUIRED)

function(_launcher_openssl)
  execute_process(COMMAND ${OPENSSL_EXECUTABLE} ${ARGN}
                  WORKING_DIRECTORY "${LAUNCHER_CERT_DIR}"
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "openssl ${ARGN} failed: ${err}")
  endif()
endfunction()

# base64 of the SHA-256 of a key's DER SubjectPublicKeyInfo: the form libcurl pins.
function(_launcher_pin keyfile outvar)
  execute_process(COMMAND ${OPENSSL_EXECUTABLE} pkey -in ${keyfile} -pubout -outform DER
                  WORKING_DIRECTORY "${LAUNCHER_CERT_DIR}" OUTPUT_FILE "${keyfile}.pub.der"
                  RESULT_VARIABLE rc)
  execute_process(COMMAND ${OPENSSL_EXECUTABLE} dgst -sha256 -binary "${keyfile}.pub.der"
                  WORKING_DIRECTORY "${LAUNCHER_CERT_DIR}" OUTPUT_FILE "${keyfile}.pub.sha256")
  execute_process(COMMAND ${OPENSSL_EXECUTABLE} base64 -A -in "${keyfile}.pub.sha256"
                  WORKING_DIRECTORY "${LAUNCHER_CERT_DIR}" OUTPUT_VARIABLE pin
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(${outvar} "${pin}" PARENT_SCOPE)
endfunction()

# ca.pem signs server.pem (the pinned key) and other.pem (a valid certificate with an unpinned
# key, for pin-mismatch tests); backup.key is the second, spare pinned key.
if(NOT EXISTS "${LAUNCHER_CERT_DIR}/other.pem")
  file(MAKE_DIRECTORY "${LAUNCHER_CERT_DIR}")
  file(WRITE "${LAUNCHER_CERT_DIR}/san.ext"
       "subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n")
  _launcher_openssl(req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Zentravo Demo CA"
                    -keyout ca.key -out ca.pem)
  foreach(name server backup other)
    _launcher_openssl(genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ${name}.key)
  endforeach()
  foreach(name server other)
    _launcher_openssl(req -new -key ${name}.key -subj "/CN=127.0.0.1" -out ${name}.csr)
    _launcher_openssl(x509 -req -in ${name}.csr -CA ca.pem -CAkey ca.key -CAcreateserial
                      -days 3650 -extfile san.ext -out ${name}.pem)
  endforeach()
endif()
_launcher_pin(server.key LAUNCHER_SERVER_PIN)
_launcher_pin(backup.key LAUNCHER_BACKUP_PIN)

# Ed25519 key that signs launcher update archives. Only its public half is compiled in; the
# private half stays in the build folder for the demo feed and the tests.
if(NOT EXISTS "${LAUNCHER_CERT_DIR}/update-signing.key.der")
  _launcher_openssl(genpkey -algorithm ed25519 -out update-signing.key)
  _launcher_openssl(pkey -in update-signing.key -outform DER -out update-signing.key.der)
  _launcher_openssl(pkey -in update-signing.key -pubout -outform DER -out update-signing.pub.der)
endif()
# The raw key is the last 32 bytes of the DER SubjectPublicKeyInfo.
file(READ "${LAUNCHER_CERT_DIR}/update-signing.pub.der" _launcher_signing_der HEX)
string(LENGTH "${_launcher_signing_der}" _launcher_signing_len)
math(EXPR _launcher_signing_at "${_launcher_signing_len} - 64")
string(SUBSTRING "${_launcher_signing_der}" ${_launcher_signing_at} 64 LAUNCHER_DEMO_SIGNING_KEY)

set(ZENTRAVO_SERVICE_URL "https://127.0.0.1:${LAUNCHER_FIXTURE_PORT}" CACHE STRING
    "Base address of the update service")
set(ZENTRAVO_PINNED_KEYS "sha256//${LAUNCHER_SERVER_PIN};sha256//${LAUNCHER_BACKUP_PIN}" CACHE STRING
    "libcurl pinned public keys of the update service")
set(ZENTRAVO_ANALYTICS_URL "https://127.0.0.1:${LAUNCHER_FIXTURE_PORT}" CACHE STRING
    "Base address of the analytics service")
set(ZENTRAVO_ANALYTICS_API_KEY "0f6c1e2d9a8b47c3b5e4d3c2b1a09f8e" CACHE STRING "Analytics API key")
set(ZENTRAVO_SENTRY_DSN
    "https://5e1d2c3b4a5968778695a4b3c2d1e0f1@127.0.0.1:${LAUNCHER_FIXTURE_PORT}/7" CACHE STRING
    "Error tracker DSN")
set(ZENTRAVO_UPDATE_PUBLIC_KEY "${LAUNCHER_DEMO_SIGNING_KEY}" CACHE STRING
    "Ed25519 public key (64 hex digits) that launcher update archives must be signed with")
set(ZENTRAVO_CA_FILE "${LAUNCHER_CERT_DIR}/ca.pem" CACHE STRING
    "Extra CA certificate trusted for the services; empty for the system store only")

include(${CMAKE_CURRENT_LIST_DIR}/EndpointChecks.cmake)
launcher_check_endpoints()

# The extra CA is compiled in, so that an installed launcher needs nothing from this folder.
set(ZENTRAVO_EXTRA_CA_PEM "")
if(ZENTRAVO_CA_FILE)
  if(EXISTS "${ZENTRAVO_CA_FILE}" AND NOT IS_DIRECTORY "${ZENTRAVO_CA_FILE}")
    file(READ "${ZENTRAVO_CA_FILE}" ZENTRAVO_EXTRA_CA_PEM)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ZENTRAVO_CA_FILE}")
    if(NOT ZENTRAVO_EXTRA_CA_PEM MATCHES "-----BEGIN CERTIFICATE-----")
      message(WARNING "ZENTRAVO_CA_FILE ${ZENTRAVO_CA_FILE} holds no PEM certificate: the "
                      "services' certificates are checked against the system store alone")
      set(ZENTRAVO_EXTRA_CA_PEM "")
    endif()
  else()
    message(WARNING "ZENTRAVO_CA_FILE ${ZENTRAVO_CA_FILE} cannot be read: the services' "
                    "certificates are checked against the system store alone")
  endif()
endif()

configure_file(${CMAKE_SOURCE_DIR}/cmake/build_config.hpp.in
               ${CMAKE_BINARY_DIR}/generated/build_config.hpp @ONLY)
