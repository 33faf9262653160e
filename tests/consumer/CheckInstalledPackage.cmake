# Installs a build of the library into a fresh prefix, then builds the consumer in this folder
# against that prefix twice, once through the CMake package and once through the pkg-config file,
# and runs both builds. Any step that fails fails the test; the prefix and the builds are removed
# either way.
#
# cmake -DBUILD_DIR=... -DCONFIG=... -DLIBDIR=... -DGENERATOR=... -DMAKE_PROGRAM=... -DCXX=...
#       -DPKG_CONFIG=... [-DEXTRA_FLAGS="..."] -P CheckInstalledPackage.cmake
# EXTRA_FLAGS go to the consumer's compile and link: a library built with the sanitizers runs only
# in a program linked with their runtimes.
foreach(variable BUILD_DIR CONFIG LIBDIR GENERATOR CXX PKG_CONFIG)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "${variable} is not set")
    endif()
endforeach()
set(source_dir ${CMAKE_CURRENT_LIST_DIR})
separate_arguments(extra_flags UNIX_COMMAND "${EXTRA_FLAGS}")

set(temp_root /tmp)
if(DEFINED ENV{TMPDIR} AND IS_DIRECTORY "$ENV{TMPDIR}")
    set(temp_root $ENV{TMPDIR})
endif()
string(RANDOM LENGTH 10 suffix)
set(work ${temp_root}/zrdb-consumer-${suffix})
set(prefix ${work}/prefix)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})

function(fail text)
    file(REMOVE_RECURSE ${work})
    message(FATAL_ERROR "${text}")
endfunction()

# Runs the command after the step's name; its output is shown only when it fails.
function(step name)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        string(REPLACE ";" " " command "${ARGN}")
        fail("${name} failed (${result}):\n${command}\n${output}")
    endif()
    message(STATUS "${name}: ok")
endfunction()

step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${CONFIG})

# The CMake package.
set(cmake_build ${work}/with-cmake)
set(make_program)
if(MAKE_PROGRAM)
    set(make_program -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
endif()
step("configure with find_package" ${CMAKE_COMMAND} -S ${source_dir} -B ${cmake_build} -G ${GENERATOR}
    ${make_program} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=${CONFIG} -DCMAKE_PREFIX_PATH=${prefix}
    "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}")
# A package installed elsewhere on the machine would prove nothing about this one.
file(STRINGS ${cmake_build}/CMakeCache.txt package_dir REGEX "^ZrGameDatabase_DIR:")
if(NOT package_dir STREQUAL "ZrGameDatabase_DIR:PATH=${prefix}/${LIBDIR}/cmake/ZrGameDatabase")
    fail("the consumer found the package outside the fresh prefix: ${package_dir}")
endif()
step("build with find_package" ${CMAKE_COMMAND} --build ${cmake_build} --config ${CONFIG})
set(program ${cmake_build}/consumer)
if(NOT EXISTS ${program})
    set(program ${cmake_build}/${CONFIG}/consumer)  # a multi-configuration generator
endif()
step("run the find_package build" ${program})

# The pkg-config file; the run path is the only help the program gets to find the library.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs ZrGameDatabase
    RESULT_VARIABLE result OUTPUT_VARIABLE flags ERROR_VARIABLE error OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
    fail("pkg-config failed (${result}): ${error}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
step("build with pkg-config" ${CXX} -std=c++20 ${extra_flags} ${source_dir}/main.cpp ${flags}
    -Wl,-rpath,${prefix}/${LIBDIR} -o ${work}/with-pkg-config)
step("run the pkg-config build" ${work}/with-pkg-config)

file(REMOVE_RECURSE ${work})
