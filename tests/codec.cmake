# The two codec libraries, the voice-engine adapter and payload decoding.
sv_add_test(test_codec_voice SOURCES test_codec_voice.cpp LIBS lib_VoiceEngine_dll LABELS codec)
sv_add_test(test_codec_amrdll SOURCES test_codec_amrdll.cpp LIBS AmrDll sv::opencore_amrnb LABELS codec)
sv_add_test(test_codec_g726adecoder SOURCES test_codec_g726adecoder.cpp LIBS sonavex_core LABELS codec)
sv_add_test(test_payload_decoding SOURCES test_payload_decoding.cpp
  LIBS sonavex_core sv::opencore_amrnb LABELS codec)
