# Live streams over RTP (tools/rtp, Linux build): payloads, the receiver, the
# sender's impairments; the codecs only to check that what the receiver makes
# up for a gap decodes.
if(TARGET svrtp)
  sv_add_test(test_rtp SOURCES test_rtp_payload.cpp test_rtp_receiver.cpp
    LIBS svrtp AmrDll lib_VoiceEngine_dll LABELS rtp)
endif()
