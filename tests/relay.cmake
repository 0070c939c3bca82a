# The trace relay (tools/relay), sonavex-send's discontinuous transmission
# through it, and playout-score (bench/) over outputs whose faults are known.
if(TARGET sonavex-relay AND TARGET playout-score AND TARGET sonavex-send AND TARGET samples)
  sv_add_test(test_relay SOURCES test_relay.cpp
    LIBS svrelay svrtp svtool_net lib_VoiceEngine_dll sv::opencore_amrnb AmrDll LABELS rtp)
  add_dependencies(test_relay sonavex-relay sonavex-send playout-score samples)
  target_compile_definitions(test_relay PRIVATE
    SV_RELAY_EXE="$<TARGET_FILE:sonavex-relay>"
    SV_SEND_EXE="$<TARGET_FILE:sonavex-send>"
    SV_PLAY_EXE="$<TARGET_FILE:sonavex-play>"
    SV_SCORE_EXE="$<TARGET_FILE:playout-score>"
    SV_SAMPLES_DIR="${SV_SAMPLES_DIR}")

  # The short version of every standard trace (a few seconds each, all at
  # once) through the relay to the adaptive receiver: no device underrun
  # while the stream lasts, no interruption caused by jitter alone. SKIPPED
  # while the player has no adaptive playout; GStreamer and Speex are
  # measured beside it when present.
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND)
    add_test(NAME playout_traces_short
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/bench/playout-compare --short --check
              --build ${CMAKE_BINARY_DIR})
  else()
    add_test(NAME playout_traces_short
      COMMAND sh -c "echo 'SKIPPED: playout_traces_short: no python3'; exit 77")
  endif()
  set_tests_properties(playout_traces_short PROPERTIES SKIP_RETURN_CODE 77 LABELS rtp TIMEOUT 180)
endif()
