# The C# and Python bindings over libSonavex.so: mono runs the .NET test
# program (the sample among it), pytest the Python tests. Both play on the
# virtual device through the wave stand-in's own controls. Not under the
# sanitizers: mono and python3 do not load a sanitizer runtime first, and the
# normal build runs them.
if(SV_SANITIZE OR NOT TARGET samples)
  return()
endif()
set(dotnet ${PROJECT_SOURCE_DIR}/bindings/dotnet)
set(python ${PROJECT_SOURCE_DIR}/bindings/python)
set(env "LD_LIBRARY_PATH=${CMAKE_BINARY_DIR}/lib" "SV_SAMPLES_DIR=${SV_SAMPLES_DIR}")

# sv_skipped_test(<name> <reason>): a test that reports SKIPPED with the reason.
function(sv_skipped_test name reason)
  add_test(NAME ${name} COMMAND sh -c "echo 'SKIPPED: ${name}: ${reason}'; exit 77")
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 LABELS bindings)
endfunction()

find_program(SV_MCS mcs)
find_program(SV_MONO mono)
if(SV_MCS AND SV_MONO)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/dotnet)
  set(sources ${dotnet}/Sonavex.cs ${dotnet}/sample/PlayAmr.cs)
  add_custom_command(OUTPUT ${out}/PlayAmr.exe ${out}/BindingTests.exe
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${SV_MCS} -warnaserror -nologo -out:${out}/PlayAmr.exe ${sources}
    COMMAND ${SV_MCS} -warnaserror -nologo -main:BindingTests -out:${out}/BindingTests.exe ${sources}
            ${dotnet}/tests/BindingTests.cs
    DEPENDS ${sources} ${dotnet}/tests/BindingTests.cs
    COMMENT "C# bindings, sample and tests (mcs)"
    VERBATIM)
  add_custom_target(sv_dotnet ALL DEPENDS ${out}/BindingTests.exe)
  add_test(NAME bindings_dotnet COMMAND ${SV_MONO} ${out}/BindingTests.exe ${SV_SAMPLES_DIR} ${out})
  set_tests_properties(bindings_dotnet PROPERTIES ENVIRONMENT "${env}" LABELS bindings TIMEOUT 120)
else()
  sv_skipped_test(bindings_dotnet "mcs or mono not found (Debian: mono-mcs mono-runtime)")
endif()

# Debian's python3, whose pytest the set-up installs.
find_program(SV_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(SV_PYTHON3)
  execute_process(COMMAND ${SV_PYTHON3} -c "import pytest" RESULT_VARIABLE no_pytest OUTPUT_QUIET ERROR_QUIET)
endif()
if(SV_PYTHON3 AND NOT no_pytest)
  add_test(NAME bindings_python
    COMMAND ${SV_PYTHON3} -m pytest -q -p no:cacheprovider ${python}/tests)
  set_tests_properties(bindings_python PROPERTIES
    ENVIRONMENT "${env};SONAVEX_LIBRARY=$<TARGET_FILE:Sonavex>;PYTHONPATH=${python};PYTHONDONTWRITEBYTECODE=1"
    LABELS bindings TIMEOUT 120)
else()
  sv_skipped_test(bindings_python "python3 with pytest not found (Debian: python3-pytest)")
endif()
