# Playback end to end: the exports, the decoder object, the player, and a host
# built against the installed package.
sv_add_test(test_playback_e2e SOURCES test_playback_e2e.cpp
  LIBS Sonavex svwinmm AmrDll lib_VoiceEngine_dll sv::opencore_amrnb LABELS playback)

# The exports compiled in beside the library's classes, to look behind handles.
sv_add_test(test_exports SOURCES test_exports.cpp ${PROJECT_SOURCE_DIR}/api/exports.cpp
  LIBS sonavex_core LABELS playback)
add_dependencies(test_exports Sonavex)
target_compile_definitions(test_exports PRIVATE SV_LIBRARY_PATH="$<TARGET_FILE:Sonavex>")

if(TARGET sonavex-play AND TARGET samples)
  sv_add_test(test_player SOURCES test_player.cpp
    LIBS lib_VoiceEngine_dll sv::opencore_amrnb AmrDll LABELS playback)
  add_dependencies(test_player sonavex-play sonavex-encode samples)
  target_compile_definitions(test_player PRIVATE
    SV_PLAY_EXE="$<TARGET_FILE:sonavex-play>"
    SV_ENCODE_EXE="$<TARGET_FILE:sonavex-encode>"
    SV_SAMPLES_DIR="${SV_SAMPLES_DIR}")
endif()

# A tiny C host built against the installed package, with CMake's
# find_package and with pkg-config.
add_test(NAME playback_consumer
  COMMAND ${CMAKE_COMMAND}
    -DSV_BUILD_DIR=${CMAKE_BINARY_DIR}
    -DSV_CONSUMER_SOURCE=${CMAKE_CURRENT_LIST_DIR}/consumer
    -DSV_WORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/consumer
    -DSV_SANITIZE=${SV_SANITIZE}
    -DSV_INSTALL_LIBDIR=${CMAKE_INSTALL_LIBDIR}
    -DSV_C_COMPILER=${CMAKE_C_COMPILER}
    -DSV_C_COMPILER_ID=${CMAKE_C_COMPILER_ID}
    -DSV_EXPECT_PLAYER=$<TARGET_EXISTS:sonavex-play>
    -P ${CMAKE_CURRENT_LIST_DIR}/consumer/run.cmake)
set_tests_properties(playback_consumer PROPERTIES LABELS "playback;install" TIMEOUT 300)

# Under ThreadSanitizer: closing a decoder while its device thread refills, and
# host threads feeding and controlling one decoder at once.
if(SV_SANITIZE MATCHES "thread")
  gtest_discover_tests(test_playback_e2e
    TEST_FILTER "*CloseWhilePlaying*:PlaybackHostThreads.*"
    TEST_SUFFIX ".tsan"
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS tsan TIMEOUT 300)
endif()

# The Debian packages: built, checked by lintian, and used once unpacked.
if(NOT SV_SANITIZE AND TARGET sonavex-play AND TARGET samples)
  add_test(NAME debian_packages COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${CMAKE_BINARY_DIR} -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/debian
    -DCONSUMER_SOURCE=${CMAKE_CURRENT_LIST_DIR}/consumer -DSAMPLE=${SV_SAMPLES_DIR}/speech.amr
    -DC_COMPILER=${CMAKE_C_COMPILER} -P ${CMAKE_CURRENT_LIST_DIR}/debian/check.cmake)
  set_tests_properties(debian_packages PROPERTIES LABELS "playback;install" TIMEOUT 600 RUN_SERIAL ON)
endif()
