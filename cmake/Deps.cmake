# Debian packages the engine links against; each becomes one imported target.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(LIBEVENT REQUIRED IMPORTED_TARGET GLOBAL libevent libevent_pthreads libevent_openssl)
pkg_check_modules(HIREDIS REQUIRED IMPORTED_TARGET GLOBAL hiredis)
pkg_check_modules(LUA51 REQUIRED IMPORTED_TARGET GLOBAL lua5.1)
pkg_check_modules(CJSON REQUIRED IMPORTED_TARGET GLOBAL libcjson)
pkg_check_modules(OPENSSL REQUIRED IMPORTED_TARGET GLOBAL openssl)
pkg_check_modules(EVHTP REQUIRED IMPORTED_TARGET GLOBAL evhtp)
pkg_check_modules(LIBCOAP REQUIRED IMPORTED_TARGET GLOBAL libcoap-3-openssl)

# lua-cjson is linked from its static archive so that the module is part of the binary.
find_library(LUA_CJSON_STATIC NAMES liblua5.1-cjson.a REQUIRED)
add_library(dep_lua_cjson STATIC IMPORTED)
set_target_properties(dep_lua_cjson PROPERTIES IMPORTED_LOCATION ${LUA_CJSON_STATIC})

add_library(dep_event ALIAS PkgConfig::LIBEVENT)
add_library(dep_hiredis ALIAS PkgConfig::HIREDIS)
add_library(dep_lua ALIAS PkgConfig::LUA51)
add_library(dep_cjson ALIAS PkgConfig::CJSON)
add_library(dep_openssl ALIAS PkgConfig::OPENSSL)
add_library(dep_evhtp ALIAS PkgConfig::EVHTP)
add_library(dep_coap ALIAS PkgConfig::LIBCOAP)
