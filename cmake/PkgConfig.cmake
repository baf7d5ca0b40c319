# The pkg-config file, for hosts built with make: `pkg-config --cflags --libs
# daDuzaDuvidoVo`. Its prefix is found from where the file lies, so that an
# install into another prefix (cmake --install --prefix) stays usable.
set(ZN_PC_PREFIX "\${pcfiledir}/..")
string(REGEX MATCHALL "[^/]+" zn_libdir_parts "${CMAKE_INSTALL_LIBDIR}")
foreach(part IN LISTS zn_libdir_parts)
  string(APPEND ZN_PC_PREFIX "/..")
endforeach()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(ZN_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(ZN_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/daDuzaDuvidoVo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/daDuzaDuvidoVo.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/daDuzaDuvidoVo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
