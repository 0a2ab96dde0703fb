# Copies the built sidecar (dist/ and package.json) into the resources' Sidecar folder.
# Usage: cmake -DSRC=<sidecar> -DDST=<resources>/Sidecar -P copy-into-resources.cmake
if(NOT EXISTS "${SRC}/dist/index.js")
  message(WARNING "The sidecar is not built: run npm install && npm run build in ${SRC} (scripts/run and scripts/test do).")
  return()
endif()
file(REMOVE_RECURSE "${DST}/dist")
file(COPY "${SRC}/dist" "${SRC}/package.json" DESTINATION "${DST}")
