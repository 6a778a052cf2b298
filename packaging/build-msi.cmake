# Builds the package reproducibly: the same inputs give the same bytes.
# cmake -DWIXL= -DMSIBUILD= -DFAKETIME= -DWXS= -DVERSION= -DUPGRADE_CODE= -DPRODUCT_CODE=
#       -DSTAGE=DIR -DFILES=a;b -DOUTPUT= -P build-msi.cmake
#
# wixl takes three things from the build machine: the files' modification times (into the
# cabinet), the clock (the summary's creation and save times) and a random package code.
# The files are staged with one fixed time, wixl runs on a frozen clock, and the package
# code is set afterwards from a hash of everything that went in.
set(fixed_time "2024-01-01 00:00:00")

file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE})
set(content "${VERSION}")
set(staged)
foreach(path IN LISTS FILES)
    get_filename_component(name ${path} NAME)
    file(COPY_FILE ${path} ${STAGE}/${name})
    list(APPEND staged ${STAGE}/${name})
    file(SHA256 ${path} hash)
    string(APPEND content " ${name}=${hash}")
endforeach()
file(SHA256 ${WXS} hash)
string(APPEND content " wxs=${hash}")
execute_process(COMMAND touch -d "${fixed_time} UTC" ${staged} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "touch failed (${result})")
endif()
string(UUID package_code NAMESPACE ${UPGRADE_CODE} NAME "package ${content}" TYPE SHA1 UPPER)

file(REMOVE ${OUTPUT})
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${FAKETIME} -f "${fixed_time}"
            ${WIXL} --arch x86 -D Version=${VERSION} -D ProductCode=${PRODUCT_CODE}
            -D UpgradeCode=${UPGRADE_CODE} -o ${OUTPUT} ${WXS}
    WORKING_DIRECTORY ${STAGE} # where wixl looks for the files the package carries
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "wixl failed (${result})")
endif()
execute_process(COMMAND ${MSIBUILD} ${OUTPUT} -s "tollivar ${VERSION}" tollivar "Intel;1033"
                        "{${package_code}}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(REMOVE ${OUTPUT})
    message(FATAL_ERROR "msibuild could not set the package code (${result})")
endif()
