# Run by CTest: install the qovautils component of BUILD_DIR into a scratch
# prefix, then configure, build and run the consumer project against it.
# Under sanitizers the consumer links with the same flags, since the
# installed library carries their runtime calls.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGV}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component qovautils)

set(flags)
if(SANITIZE)
  set(san "-fsanitize=address,undefined -fno-sanitize-recover=all")
  list(APPEND flags "-DCMAKE_CXX_FLAGS=${san}" "-DCMAKE_EXE_LINKER_FLAGS=${san}")
endif()
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_PREFIX_PATH=${prefix} ${flags})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer_cmake)
run(${WORK_DIR}/build/consumer_pkgconfig)
file(REMOVE_RECURSE ${WORK_DIR})
