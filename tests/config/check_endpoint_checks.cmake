# Runs cmake/EndpointChecks.cmake on its own for each case: a malformed endpoint or key must stop
# it with a message naming the variable and what it expects; the values this build was
# configured with, the README's deployment example and other well-formed values must pass.
set(checks "${SOURCE}/cmake/EndpointChecks.cmake")
set(names ZENTRAVO_SERVICE_URL ZENTRAVO_PINNED_KEYS ZENTRAVO_ANALYTICS_URL
          ZENTRAVO_ANALYTICS_API_KEY ZENTRAVO_SENTRY_DSN ZENTRAVO_UPDATE_PUBLIC_KEY)

set(pin1 "sha256//RCmxqpAhlLElTuTlPGCUB51u4UBeoQZ4gh2UZEWChXU=")
set(pin2 "sha256//Pnw2Pjj5Ddt0xy9BnT6SxNJRQQMu6zq9ogD8Nb4iqzM=")
set(good_ZENTRAVO_SERVICE_URL "https://updates.example.com")
set(good_ZENTRAVO_PINNED_KEYS "${pin1};${pin2}")
set(good_ZENTRAVO_ANALYTICS_URL "https://analytics.example.com")
set(good_ZENTRAVO_ANALYTICS_API_KEY "9c1f4e2a7b3d4c5e8f6a0b1c2d3e4f5a")
set(good_ZENTRAVO_SENTRY_DSN "https://9c1f4e2a7b3d4c5e8f6a0b1c2d3e4f5a@errors.example.com/42")
set(good_ZENTRAVO_UPDATE_PUBLIC_KEY
    "0b6f395ca14ac202374d5cff678b71157d0bef7e00c3045e9b80aab4ffb85276")

set(failures "")

# Runs the checks with the good values, <name> set to <value>; sets rc and err in the caller.
function(run_checks name value)
  foreach(n ${names})
    set(v_${n} "${good_${n}}")
  endforeach()
  if(name)
    set(v_${name} "${value}")
  endif()
  # Quoted one by one: the pins hold a ';'.
  execute_process(COMMAND "${CMAKE_COMMAND}"
                          "-DZENTRAVO_SERVICE_URL=${v_ZENTRAVO_SERVICE_URL}"
                          "-DZENTRAVO_PINNED_KEYS=${v_ZENTRAVO_PINNED_KEYS}"
                          "-DZENTRAVO_ANALYTICS_URL=${v_ZENTRAVO_ANALYTICS_URL}"
                          "-DZENTRAVO_ANALYTICS_API_KEY=${v_ZENTRAVO_ANALYTICS_API_KEY}"
                          "-DZENTRAVO_SENTRY_DSN=${v_ZENTRAVO_SENTRY_DSN}"
                          "-DZENTRAVO_UPDATE_PUBLIC_KEY=${v_ZENTRAVO_UPDATE_PUBLIC_KEY}"
                          -P "${checks}"
                  RESULT_VARIABLE result ERROR_VARIABLE error OUTPUT_QUIET)
  string(REGEX REPLACE "[ \n]+" " " error "${error}")
  set(rc "${result}" PARENT_SCOPE)
  set(err "${error}" PARENT_SCOPE)
endfunction()

function(expect_rejected name value expectation)
  run_checks("${name}" "${value}")
  if(rc EQUAL 0)
    list(APPEND failures "accepted ${name}=\"${value}\"")
  elseif(NOT err MATCHES "${name} is" OR NOT err MATCHES "${expectation}")
    list(APPEND failures
         "${name}=\"${value}\": expected a message naming ${name} and '${expectation}': ${err}")
  endif()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

function(expect_accepted name value)
  run_checks("${name}" "${value}")
  if(NOT rc EQUAL 0)
    list(APPEND failures "rejected ${name}=\"${value}\": ${err}")
  endif()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

set(https "must be an https address")
expect_rejected(ZENTRAVO_SERVICE_URL "updates.example.com" "${https}")
expect_rejected(ZENTRAVO_SERVICE_URL "http://updates.example.com" "${https}")
expect_rejected(ZENTRAVO_SERVICE_URL "https://updates.example.com/" "${https}")
expect_rejected(ZENTRAVO_SERVICE_URL "https://updates.example.com/v?x=1" "${https}")
expect_rejected(ZENTRAVO_SERVICE_URL "https://" "${https}")
expect_rejected(ZENTRAVO_SERVICE_URL "" "${https}")
expect_rejected(ZENTRAVO_SERVICE_URL "https://updates.example.com:70000" "port must be 1 to 65535")
expect_rejected(ZENTRAVO_ANALYTICS_URL "http://analytics.example.com" "${https}")
expect_rejected(ZENTRAVO_ANALYTICS_URL "analytics.example.com" "${https}")

set(pins "must be two different entries sha256//<base64> joined by ';'")
expect_rejected(ZENTRAVO_PINNED_KEYS "${pin1}" "${pins}")
expect_rejected(ZENTRAVO_PINNED_KEYS "${pin1};${pin1}" "${pins}")
expect_rejected(ZENTRAVO_PINNED_KEYS "${pin1};${pin2};${pin1}" "${pins}")
expect_rejected(ZENTRAVO_PINNED_KEYS "${pin1},${pin2}" "${pins}")
expect_rejected(ZENTRAVO_PINNED_KEYS "${pin1};" "${pins}")
expect_rejected(ZENTRAVO_PINNED_KEYS "" "${pins}")
expect_rejected(ZENTRAVO_PINNED_KEYS "${pin1};sha1//Pnw2Pjj5Ddt0xy9BnT6SxNJRQQMu6zq9ogD8Nb4iqzM=" "${pins}")
expect_rejected(ZENTRAVO_PINNED_KEYS "${pin1};Pnw2Pjj5Ddt0xy9BnT6SxNJRQQMu6zq9ogD8Nb4iqzM=" "${pins}")
# 31 and 33 bytes, a base64 that is not canonical, and a character outside base64.
expect_rejected(ZENTRAVO_PINNED_KEYS "${pin1};sha256//Pnw2Pjj5Ddt0xy9BnT6SxNJRQQMu6zq9ogD8Nb4iqw==" "${pins}")
expect_rejected(ZENTRAVO_PINNED_KEYS "${pin1};sha256//LXEWQrcmsEQBYnyp+6wy9chTD7GQPMTbAiWHF5IaSIEA" "${pins}")
expect_rejected(ZENTRAVO_PINNED_KEYS "${pin1};sha256//Pnw2Pjj5Ddt0xy9BnT6SxNJRQQMu6zq9ogD8Nb4iqzN=" "${pins}")
expect_rejected(ZENTRAVO_PINNED_KEYS "${pin1};sha256//Pnw2Pjj5Ddt0xy9BnT6SxNJRQQMu6zq9ogD8Nb4iq-M=" "${pins}")

set(hex "must be the Ed25519 public key as 64 hex digits")
string(SUBSTRING "${good_ZENTRAVO_UPDATE_PUBLIC_KEY}" 1 63 short)
expect_rejected(ZENTRAVO_UPDATE_PUBLIC_KEY "${short}" "${hex}")
expect_rejected(ZENTRAVO_UPDATE_PUBLIC_KEY "${good_ZENTRAVO_UPDATE_PUBLIC_KEY}0" "${hex}")
expect_rejected(ZENTRAVO_UPDATE_PUBLIC_KEY "g${short}" "${hex}")
expect_rejected(ZENTRAVO_UPDATE_PUBLIC_KEY "" "${hex}")

set(dsn "must be https://<key>@<host>\\[:<port>\\]/<project>")
expect_rejected(ZENTRAVO_SENTRY_DSN "http://9c1f4e2a@errors.example.com/42" "${dsn}")
expect_rejected(ZENTRAVO_SENTRY_DSN "9c1f4e2a@errors.example.com/42" "${dsn}")
expect_rejected(ZENTRAVO_SENTRY_DSN "https://errors.example.com/42" "${dsn}")
expect_rejected(ZENTRAVO_SENTRY_DSN "https://9c1f4e2a@errors.example.com" "${dsn}")
expect_rejected(ZENTRAVO_SENTRY_DSN "https://9c1f4e2a@errors.example.com/" "${dsn}")

expect_rejected(ZENTRAVO_ANALYTICS_API_KEY "" "must be the analytics API key")
expect_rejected(ZENTRAVO_ANALYTICS_API_KEY "ab\"cd" "must be the analytics API key")

# Well-formed values other than the defaults.
expect_accepted("" "")
expect_accepted(ZENTRAVO_SERVICE_URL "https://127.0.0.1:39443")
expect_accepted(ZENTRAVO_SERVICE_URL "https://[::1]:8443/launcher/v2")
expect_accepted(ZENTRAVO_ANALYTICS_URL "https://api2.analytics-eu.example.com")
expect_accepted(ZENTRAVO_UPDATE_PUBLIC_KEY "0B6F395CA14AC202374D5CFF678B71157D0BEF7E00C3045E9B80AAB4FFB85276")
expect_accepted(ZENTRAVO_SENTRY_DSN "https://9c1f4e2a@o12.ingest.example.com:8443/errors/42")

# The values this build was configured with: the demo defaults unless set otherwise.
load_cache("${BUILD}" READ_WITH_PREFIX configured_ ${names})
foreach(name ${names})
  set(good_${name} "${configured_${name}}")
endforeach()
expect_accepted("" "")

# The README's deployment example, its placeholders filled in.
file(READ "${SOURCE}/README.md" readme)
set(example "")
if(readme MATCHES "cmake -S \\. -B build/deploy[^\n]*")
  set(example "${CMAKE_MATCH_0}")
else()
  list(APPEND failures "README.md has no deployment example (cmake -S . -B build/deploy)")
endif()
string(REPLACE "<key 1>" "RCmxqpAhlLElTuTlPGCUB51u4UBeoQZ4gh2UZEWChXU=" example "${example}")
string(REPLACE "<key 2>" "Pnw2Pjj5Ddt0xy9BnT6SxNJRQQMu6zq9ogD8Nb4iqzM=" example "${example}")
string(REPLACE "<key>" "9c1f4e2a7b3d4c5e8f6a0b1c2d3e4f5a" example "${example}")
string(REPLACE "<project>" "42" example "${example}")
string(REPLACE "<64 hex digits>" "0b6f395ca14ac202374d5cff678b71157d0bef7e00c3045e9b80aab4ffb85276"
       example "${example}")
string(REPLACE "'" "" example "${example}")
foreach(name ${names})
  if(example MATCHES "-D${name}=([^ ]*)")
    set(good_${name} "${CMAKE_MATCH_1}")
  else()
    list(APPEND failures "the README's deployment example does not set ${name}")
  endif()
endforeach()
expect_accepted("" "")

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "endpoint checks:\n  ${text}")
endif()
