# Tests of the pure code, shared by the Windows and the native build.
set(HVQ_PURE_TEST_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/bench_stats_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transition_audit_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/follow_audit_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/block_math_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/crossfade_mixer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/format_converter_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fade_out_conversion_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fade_out_chain_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/track_edges_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/resampler_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hookedins_pure_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/config_form_rules_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/album_join_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transition_decision_test.cpp
)
