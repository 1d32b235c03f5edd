# Checks the compiled-in endpoints and keys, so that a release built with a malformed one stops
# at configure time instead of shipping a launcher that can never reach its services. Included by
# Endpoints.cmake; also runs on its own for the tests:
#   cmake -DZENTRAVO_SERVICE_URL=... (every variable) -P cmake/EndpointChecks.cmake

# https://<host>[:<port>][/<path>], no trailing '/', query or fragment: the code appends
# "/ip", "/v1/..." and "/2/httpapi" to these bases.
set(_launcher_host_pattern "([A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?|\\[[0-9A-Fa-f:.]+\\])")
set(_launcher_port_pattern "(:[0-9]?[0-9]?[0-9]?[0-9]?[0-9])?")
set(_launcher_base_pattern
    "^https://${_launcher_host_pattern}${_launcher_port_pattern}(/[A-Za-z0-9._~%-]+)*$")
# libcurl's pin of one key: the base64 of a SHA-256, 32 bytes, is 43 characters and one '='; the
# last character carries 2 bits only.
set(_launcher_pin_pattern "sha256//")
foreach(_launcher_i RANGE 1 42)
  string(APPEND _launcher_pin_pattern "[A-Za-z0-9+/]")
endforeach()
string(APPEND _launcher_pin_pattern "[AEIMQUYcgkosw048]=")
set(_launcher_dsn_pattern
    "^https://[A-Za-z0-9_-]+(:[A-Za-z0-9_-]+)?@${_launcher_host_pattern}${_launcher_port_pattern}(/[A-Za-z0-9._~-]+)*/[A-Za-z0-9_-]+$")

function(_launcher_port_in_range variable value)
  # The host and port follow the DSN's '@', or the scheme of a base address.
  string(REGEX REPLACE "^https://([^@/]*@)?" "" rest "${value}")
  if(rest MATCHES "^[^/]*:([0-9]+)(/|$)")
    if(CMAKE_MATCH_1 EQUAL 0 OR CMAKE_MATCH_1 GREATER 65535)
      message(FATAL_ERROR "${variable} is \"${value}\"; its port must be 1 to 65535")
    endif()
  endif()
endfunction()

function(launcher_check_endpoints)
  foreach(variable ZENTRAVO_SERVICE_URL ZENTRAVO_ANALYTICS_URL)
    if(NOT "${${variable}}" MATCHES "${_launcher_base_pattern}")
      message(FATAL_ERROR "${variable} is \"${${variable}}\"; it must be an https address "
                          "https://<host>[:<port>][/<path>] without a trailing '/', query or "
                          "fragment (every request of the launcher is https only)")
    endif()
    _launcher_port_in_range(${variable} "${${variable}}")
  endforeach()

  set(pins "${ZENTRAVO_PINNED_KEYS}")
  list(LENGTH pins count)
  set(well_formed FALSE)
  if(count EQUAL 2)
    list(GET pins 0 first)
    list(GET pins 1 second)
    if(first MATCHES "^${_launcher_pin_pattern}$" AND second MATCHES "^${_launcher_pin_pattern}$"
       AND NOT first STREQUAL second)
      set(well_formed TRUE)
    endif()
  endif()
  if(NOT well_formed)
    message(FATAL_ERROR "ZENTRAVO_PINNED_KEYS is \"${ZENTRAVO_PINNED_KEYS}\"; it must be two "
                        "different entries sha256//<base64> joined by ';', each base64 the "
                        "SHA-256 (32 bytes, 44 characters) of one of the update service's "
                        "public keys, the second a spare")
  endif()

  if(NOT ZENTRAVO_UPDATE_PUBLIC_KEY MATCHES "^[0-9A-Fa-f]+$")
    set(length 0)
  else()
    string(LENGTH "${ZENTRAVO_UPDATE_PUBLIC_KEY}" length)
  endif()
  if(NOT length EQUAL 64)
    message(FATAL_ERROR "ZENTRAVO_UPDATE_PUBLIC_KEY is \"${ZENTRAVO_UPDATE_PUBLIC_KEY}\"; it "
                        "must be the Ed25519 public key as 64 hex digits")
  endif()

  if(NOT "${ZENTRAVO_SENTRY_DSN}" MATCHES "${_launcher_dsn_pattern}")
    message(FATAL_ERROR "ZENTRAVO_SENTRY_DSN is \"${ZENTRAVO_SENTRY_DSN}\"; it must be "
                        "https://<key>@<host>[:<port>]/<project> (reports are sent over https "
                        "only)")
  endif()
  _launcher_port_in_range(ZENTRAVO_SENTRY_DSN "${ZENTRAVO_SENTRY_DSN}")

  # The key stands in a C++ string literal.
  if(NOT "${ZENTRAVO_ANALYTICS_API_KEY}" MATCHES "^[A-Za-z0-9._-]+$")
    message(FATAL_ERROR "ZENTRAVO_ANALYTICS_API_KEY is \"${ZENTRAVO_ANALYTICS_API_KEY}\"; it "
                        "must be the analytics API key: letters, digits, '.', '_' or '-'")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  launcher_check_endpoints()
endif()
