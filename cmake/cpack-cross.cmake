# Read by cpack for a dynamically linked cross build: the target's shared
# libraries are the cross compiler's, whose packages cross-shlibdeps maps to
# the target's own names.
set(SHLIBDEPS_EXECUTABLE ${CMAKE_CURRENT_LIST_DIR}/cross-shlibdeps)
