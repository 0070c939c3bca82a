# What the host programs share: the option table, the values they parse.
if(TARGET svtool_common)
  sv_add_test(test_tool_common SOURCES test_tool_common.cpp LIBS svtool_common LABELS tools)
endif()
