# Live streams over RTP (tools/rtp, Linux build): payloads, the receiver, the
# sender's impairments; the codecs only to check that what the receiver makes
# up for a gap decodes.
if(TARGET svrtp)
  sv_add_test(test_rtp SOURCES test_rtp_payload.cpp test_rtp_receiver.cpp
    LIBS svrtp AmrDll lib_VoiceEngine_dll LABELS rtp)
endif()

# sonavex-send over the loopback, received by the receiver above.
if(TARGET sonavex-send)
  sv_add_test(test_rtp_loopback SOURCES test_rtp_loopback.cpp LIBS svrtp LABELS rtp)
  add_dependencies(test_rtp_loopback sonavex-send)
  target_compile_definitions(test_rtp_loopback PRIVATE SV_SEND_EXE="$<TARGET_FILE:sonavex-send>")
endif()
