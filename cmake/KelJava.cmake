# The Java side of the two JNI libraries, included by KelResource/ and VTerminal/: JDK 17,
# the JNI headers, jars compiled with every lint warning an error, and the native headers
# that javac generates from the Java classes.
find_package(Java 17 REQUIRED COMPONENTS Development Runtime)
# FindJNI looks in JAVA_HOME first; unless one is given, that is the JDK of the javac just
# found, so that the JNI headers and the compiler come from the same JDK.
if(NOT JAVA_HOME AND NOT DEFINED ENV{JAVA_HOME})
  file(REAL_PATH "${Java_JAVAC_EXECUTABLE}" kel_javac)
  cmake_path(GET kel_javac PARENT_PATH kel_jdk_bin)
  cmake_path(GET kel_jdk_bin PARENT_PATH JAVA_HOME)
endif()
# Only the JNI headers are used (JNI::JNI); naming an optional component keeps FindJNI
# from requiring the AWT and JVM libraries, which a headless JDK may lack.
find_package(JNI REQUIRED OPTIONAL_COMPONENTS JVM)
include(UseJava)
set(CMAKE_JAVA_COMPILE_FLAGS -Xlint:all -Werror --release 17)

# add_jar(<jar_target> <arguments>...) for a class with native methods; javac also writes
# the class's native header (javac -h) into native_headers/ of the current build folder,
# in every build tree. <headers_target> carries that folder and the JNI headers.
function(kel_add_native_class_jar jar_target headers_target)
  add_jar(${jar_target} ${ARGN}
    GENERATE_NATIVE_HEADERS ${headers_target}
      DESTINATION ${CMAKE_CURRENT_BINARY_DIR}/native_headers)
  target_link_libraries(${headers_target} INTERFACE JNI::JNI)
endfunction()

# Compiles <source>, which defines the native methods of <library>, against the generated
# header of <headers_target>: a wrong signature conflicts with its declaration, and a
# misspelt name is a definition without one. Both fail to compile.
function(kel_compile_native_methods library source headers_target)
  target_link_libraries(${library} PRIVATE ${headers_target})
  set_source_files_properties(${source} PROPERTIES COMPILE_OPTIONS -Werror=missing-declarations)
endfunction()
