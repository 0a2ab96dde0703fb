# Copies the built sidecar (dist/, package.json and the packages it runs with) into the
# resources' Sidecar folder.
# Usage: cmake -DSRC=<sidecar> -DDST=<resources>/Sidecar -P copy-into-resources.cmake
if(NOT EXISTS "${SRC}/dist/index.js")
  message(WARNING "The sidecar is not built: run npm install && npm run build in ${SRC} (scripts/run and scripts/test do).")
  return()
endif()
file(REMOVE_RECURSE "${DST}/dist" "${DST}/node_modules")
file(COPY "${SRC}/dist" "${SRC}/package.json" DESTINATION "${DST}")
# The MCP SDK and what it needs; the build's own tools (the dev dependencies) stay behind.
if(EXISTS "${SRC}/node_modules")
  file(COPY "${SRC}/node_modules" DESTINATION "${DST}"
       PATTERN "typescript" EXCLUDE PATTERN "@types" EXCLUDE PATTERN "undici-types" EXCLUDE PATTERN ".bin" EXCLUDE)
endif()
