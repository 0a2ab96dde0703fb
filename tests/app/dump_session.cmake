# Runs selvina-voice in its session-dump mode in an empty home and checks what it prints.
set(home "${CMAKE_CURRENT_BINARY_DIR}/dump-home")
file(REMOVE_RECURSE "${home}")
file(MAKE_DIRECTORY "${home}")
# The dump must exit with 0 and print every needle.
function(dump_says)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env HOME=${home} SELVINA_DUMP_SESSION=1 --unset=OPENAI_API_KEY
            --unset=DBUS_SESSION_BUS_ADDRESS ${BIN}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 30)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "exit ${rc}: ${err}")
  endif()
  foreach(needle ${ARGN})
    string(FIND "${out}" "${needle}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "missing ${needle} in:\n${out}")
    endif()
  endforeach()
endfunction()
# (the needle with an open bracket last: CMake joins the list items after one)
dump_says("\"instructions\": \"(instrukcja pominięta)\"" "\"voice\": \"marin\"" "\"type\": \"server_vad\""
          "klucz OpenAI: BRAK" "\"tools\": [")
file(WRITE "${home}/.config/selvina-voice/config.json" "{\"openai_api_key\":\"sk-plik\"}")
dump_says("klucz OpenAI: config.json")
