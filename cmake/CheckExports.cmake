# Checks the exports of ZrGameDatabase.dll against what the public headers promise, after each link:
#
#   cmake -DDLL=... -DOBJDUMP=... -DCXXFILT=... -DLIST=... -DHEADERS=... -P CheckExports.cmake
#
# LIST (ZrGameDatabase/ZrGameDatabase.exports) holds the demangled name of every export, sorted. A
# name listed but not exported is a member a host cannot link; a name exported but not listed is
# interface nobody meant to give (or a new member: add it to the list). Every class the headers in
# HEADERS mark ZRDB_API must also have members among the exports, so a class that lost its mark
# is caught even when the list was regenerated without a look.
foreach(variable DLL OBJDUMP CXXFILT LIST HEADERS)
    if(NOT ${variable})
        message(FATAL_ERROR "CheckExports.cmake needs -D${variable}=...")
    endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

# The export table is the block after "[Ordinal/Name Pointer] Table", one "[ n] name" per line.
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" start)
if(start EQUAL -1)
    message(FATAL_ERROR "${DLL} exports nothing")
endif()
string(SUBSTRING "${dump}" ${start} -1 table)
string(FIND "${table}" "\n\n" end)
if(NOT end EQUAL -1)
    string(SUBSTRING "${table}" 0 ${end} table)
endif()
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
set(mangled "")
foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${entry}")
    string(APPEND mangled "${name}\n")
endforeach()

# -n: i686 symbols in the export table have no leading underscore left to strip.
file(WRITE ${DLL}.exports.mangled "${mangled}")
execute_process(COMMAND ${CXXFILT} -n INPUT_FILE ${DLL}.exports.mangled OUTPUT_VARIABLE demangled RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${CXXFILT} failed")
endif()
string(REGEX REPLACE "\n$" "" demangled "${demangled}")
string(REPLACE ";" "\\;" demangled "${demangled}")
string(REPLACE "\n" ";" exported "${demangled}")
list(SORT exported)

file(STRINGS ${LIST} promised)
list(SORT promised)

set(missing ${promised})
list(REMOVE_ITEM missing ${exported})
set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${promised})

set(problems "")
foreach(name IN LISTS missing)
    string(APPEND problems "  listed but not exported: ${name}\n")
endforeach()
foreach(name IN LISTS unexpected)
    string(APPEND problems "  exported but not listed: ${name}\n")
endforeach()

file(GLOB headers ${HEADERS}/*.h)
foreach(header IN LISTS headers)
    file(READ ${header} text)
    string(REGEX MATCHALL "class ZRDB_API [A-Za-z0-9_]+" classes "${text}")
    foreach(class IN LISTS classes)
        string(REPLACE "class ZRDB_API " "" class "${class}")
        string(REGEX MATCH "(^|;)[^;]*Database::([A-Za-z]+::)*${class}::" found "${exported}")
        if(NOT found)
            get_filename_component(file ${header} NAME)
            string(APPEND problems "  ${file}: class ${class} is marked ZRDB_API but nothing of it is exported\n")
        endif()
    endforeach()
endforeach()

if(problems)
    message(FATAL_ERROR "The exports of ${DLL} differ from ${LIST}:\n${problems}")
endif()
list(LENGTH exported count)
message(STATUS "ZrGameDatabase.dll: ${count} exports, as listed")
