# The update host and the update domain: build-time constants of the service, one place each.
# The official manifest's address is built from the host; packages may come only from names
# below the domain. Nothing at run time can change either.
#
#   VOVU_UPDATE_HOST     the update host's name
#   VOVU_UPDATE_DOMAIN   the update domain; the host must lie inside it
#
# Both are lower-cased here and must be plain DNS names (letters, digits, hyphens, dots).
set(VOVU_UPDATE_HOST "updates.korvasync.example" CACHE STRING
  "Update host name: the official manifest is https://<host>/client/new/clientHotUpdateInfo.json")
set(VOVU_UPDATE_DOMAIN "korvasync.example" CACHE STRING
  "Update domain: packages are downloaded only from names below it")

function(vovu_check_update_host host domain)
  set(label "[a-z0-9]([a-z0-9-]*[a-z0-9])?")
  set(name "^${label}(\\.${label})*$")
  if(NOT host MATCHES "${name}")
    message(FATAL_ERROR "VOVU_UPDATE_HOST '${host}' is not a DNS host name")
  endif()
  if(NOT domain MATCHES "${name}")
    message(FATAL_ERROR "VOVU_UPDATE_DOMAIN '${domain}' is not a DNS domain name")
  endif()
  string(LENGTH "${host}" host_length)
  string(LENGTH ".${domain}" suffix_length)
  set(inside FALSE)
  if(host_length GREATER suffix_length)
    math(EXPR start "${host_length} - ${suffix_length}")
    string(SUBSTRING "${host}" ${start} ${suffix_length} tail)
    if(tail STREQUAL ".${domain}")
      set(inside TRUE)
    endif()
  endif()
  if(NOT inside)
    message(FATAL_ERROR "VOVU_UPDATE_HOST '${host}' does not lie inside VOVU_UPDATE_DOMAIN "
      "'${domain}': the host must be a name below the domain (such as updates.${domain})")
  endif()
endfunction()

string(TOLOWER "${VOVU_UPDATE_HOST}" VOVU_UPDATE_HOST_NAME)
string(TOLOWER "${VOVU_UPDATE_DOMAIN}" VOVU_UPDATE_DOMAIN_NAME)
vovu_check_update_host("${VOVU_UPDATE_HOST_NAME}" "${VOVU_UPDATE_DOMAIN_NAME}")
