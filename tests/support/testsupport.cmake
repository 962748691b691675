# The tests' support library (Redis servers, the engine as a black box, the peers). The tests use it,
# and so do the engine benchmarks, which are built without the tests as well.
find_package(GTest REQUIRED)

set(brx_support_dir ${PROJECT_SOURCE_DIR}/tests/support)
add_library(brx_testsupport STATIC ${brx_support_dir}/test_support.cpp ${brx_support_dir}/redis_server.cpp
  ${brx_support_dir}/engine_env.cpp ${brx_support_dir}/bus_standin.cpp ${brx_support_dir}/tcp_peer.cpp
  ${brx_support_dir}/coap_peer.cpp ${brx_support_dir}/appserver_peer.cpp ${brx_support_dir}/netns.cpp
  ${brx_support_dir}/proc_watch.cpp)
target_link_libraries(brx_testsupport PUBLIC brx_base GTest::gtest dep_hiredis Threads::Threads)
target_compile_definitions(brx_testsupport PUBLIC
  BRX_BINARY_DIR="${PROJECT_BINARY_DIR}"
  BRX_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
