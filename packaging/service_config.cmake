# quillmap_service_config(<example> <output>): the service's configuration, made from the example
# configuration (so that both carry the same comments) with the system's paths and account, and a
# pristine copy of it beside (<output>.example).
#   data    /var/lib/quillmap/quillmap.yaml     log     /var/log/quillmap/quillmap.log
#   pid     /run/quillmap/quillmap.pid          socket  /run/quillmap/quillmap.sock
#   user    quillmap                            log_level WARN (no line per request)
function(quillmap_service_config example output)
  file(READ "${example}" text)
  string(REPLACE "@RUN@/quillmap.log" "/var/log/quillmap/quillmap.log" text "${text}")
  string(REPLACE "@RUN@/quillmap.pid" "/run/quillmap/quillmap.pid" text "${text}")
  string(REPLACE "@RUN@/quillmap.sock" "/run/quillmap/quillmap.sock" text "${text}")
  string(REPLACE "@RUN@/quillmap.yaml" "/var/lib/quillmap/quillmap.yaml" text "${text}")
  string(REPLACE "@RUN@" "/var/lib/quillmap" text "${text}")
  string(REPLACE "#user=quillmap" "user=quillmap" text "${text}")
  string(REGEX REPLACE "\nlog_level=[A-Z]+" "\nlog_level=WARN" text "${text}")
  file(WRITE "${output}" "${text}")
  file(WRITE "${output}.example" "${text}")
endfunction()
