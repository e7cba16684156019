# Identities of the COM server: one place for the values that the type
# library, the C++ code, the registration and the tests must agree on. Both
# builds (64-bit and 32-bit) register the same values. Never change them: they
# are what hosts and pages have stored.
set(KELO_COM_LIBID "E7C97EF7-55E0-46F7-9E6C-37F6F80CEAC8")
set(KELO_COM_DIID_DISPATCH "216DAAD2-21F3-48E9-AE38-2B9349DF81CF")
set(KELO_COM_DIID_EVENTS "17EFECB8-6AD1-4EBC-9AC9-D9334300BE79")
set(KELO_COM_CLSID_CONTROL "507F4BFA-147B-4975-BD51-314A9000C26C")
set(KELO_COM_CLSID_PAGE "8678D9FA-D6D2-496A-AFB7-810EE35F5418")
set(KELO_COM_PROGID_CONTROL "KELOCAACTIVEX.KeloCAActiveXCtrl.1")
set(KELO_COM_PROGID_PAGE "KELOCAACTIVEX.KeloCAActiveXPropPage.1")
set(KELO_COM_DLL_NAME "KeloCaActiveX")

# kelo_guid_initializer(<GUID text> <out variable>): the text as a C
# initializer of a GUID structure.
function(kelo_guid_initializer guid out)
  string(REPLACE "-" "" hex "${guid}")
  string(LENGTH "${hex}" len)
  if(NOT len EQUAL 32)
    message(FATAL_ERROR "not a GUID: ${guid}")
  endif()
  string(SUBSTRING "${hex}" 0 8 d1)
  string(SUBSTRING "${hex}" 8 4 d2)
  string(SUBSTRING "${hex}" 12 4 d3)
  set(bytes "")
  foreach(i RANGE 16 30 2)
    string(SUBSTRING "${hex}" ${i} 2 b)
    list(APPEND bytes "0x${b}")
  endforeach()
  list(JOIN bytes ", " bytes)
  set(${out} "{0x${d1}, 0x${d2}, 0x${d3}, {${bytes}}}" PARENT_SCOPE)
endfunction()
