# Live streams over RTP (rtp/, Linux build): payloads, the receiver, the
# sender's impairments; the codecs only to check that what the receiver makes
# up for a gap decodes.
if(TARGET svrtp AND TARGET svtool_net)
  sv_add_test(test_rtp SOURCES test_rtp_payload.cpp test_rtp_receiver.cpp test_rtp_playout.cpp test_rtp_srtp.cpp
    LIBS svrtp svtool_net AmrDll lib_VoiceEngine_dll LABELS rtp)
endif()

# sonavex-send over the loopback, received by the receiver above.
if(TARGET sonavex-send)
  sv_add_test(test_rtp_loopback SOURCES test_rtp_loopback.cpp LIBS svrtp svtool_net LABELS rtp)
  add_dependencies(test_rtp_loopback sonavex-send)
  target_compile_definitions(test_rtp_loopback PRIVATE SV_SEND_EXE="$<TARGET_FILE:sonavex-send>")
endif()

# sonavex-play receiving from sonavex-send and from ffmpeg, on the virtual
# device; scripts/plot-stats over its statistics.
if(TARGET sonavex-send AND TARGET sonavex-play AND TARGET samples)
  sv_add_test(test_rtp_play SOURCES test_rtp_play.cpp
    LIBS svrtp svtool_net lib_VoiceEngine_dll sv::opencore_amrnb AmrDll LABELS rtp)
  add_dependencies(test_rtp_play sonavex-play sonavex-send samples)
  target_compile_definitions(test_rtp_play PRIVATE
    SV_PLAY_EXE="$<TARGET_FILE:sonavex-play>"
    SV_SEND_EXE="$<TARGET_FILE:sonavex-send>"
    SV_PLOT_STATS="${PROJECT_SOURCE_DIR}/scripts/plot-stats"
    SV_SAMPLES_DIR="${SV_SAMPLES_DIR}")
endif()
