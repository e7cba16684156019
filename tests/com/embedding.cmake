# The control in a container of the tests' own (included by CMakeLists.txt
# of this directory). The container makes windows, so the test runs against
# a private Xvfb server; without one it skips.
add_executable(com_embedding_test embedding_test.cpp test_container.cpp)
target_link_libraries(com_embedding_test PRIVATE kelo_control kelo_com_ids ${KELO_GTEST_MAIN}
  ole32 oleaut32 uuid user32 gdi32)
target_compile_definitions(com_embedding_test PRIVATE NOMINMAX)
kelo_strict(com_embedding_test)
add_dependencies(com_embedding_test kelo_com mockp11_modules)
add_test(NAME com_embedding_test
  COMMAND ${PROJECT_SOURCE_DIR}/tests/run_with_xvfb.sh ${CMAKE_CROSSCOMPILING_EMULATOR}
    $<TARGET_FILE:com_embedding_test>
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
set_tests_properties(com_embedding_test PROPERTIES
  FIXTURES_REQUIRED com_server FIXTURES_SETUP com_embedding_picture RESOURCE_LOCK com_registry
  TIMEOUT 300 ENVIRONMENT "${mock_path}")

# The drawn picture as PNG beside the BMP the test wrote, for a person to look
# at; the converter is ours (Python's standard library only).
find_package(Python3 COMPONENTS Interpreter QUIET)
if(Python3_Interpreter_FOUND)
  add_test(NAME com_embedding_picture_png
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/bmp_to_png.py
      ${CMAKE_CURRENT_BINARY_DIR}/embedding_draw.bmp ${CMAKE_CURRENT_BINARY_DIR}/embedding_draw.png)
  set_tests_properties(com_embedding_picture_png PROPERTIES FIXTURES_REQUIRED com_embedding_picture)
endif()
