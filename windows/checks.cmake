# Checks of the built driver package, run by ctest in the Windows build. The
# expectations are stated here, apart from the sources that produce them.
set(QUORVEX_EXPECTED_VERSION 2.1.0.0)
set(QUORVEX_EXPECTED_DESCRIPTION "USB Camera Driver File")
# The kernel's own routines and the USB library's; nothing from the HAL, whose few
# routines a 64-bit driver needs (spin locks, IRQL) the kernel exports itself.
set(QUORVEX_EXPECTED_IMPORTS --import ntoskrnl.exe --import USBD.SYS)
set(QUORVEX_EXPECTED_CLASS USBDevice)
set(QUORVEX_EXPECTED_CLASS_GUID "{88BAE032-5A81-49F0-BC3D-A4FF138216D6}")
# Who may open a camera: full access for the system and administrators, read and
# write for interactive users (SID:rights); opens are checked for names below the
# device too (FILE_DEVICE_SECURE_OPEN).
set(QUORVEX_EXPECTED_SECURITY --allow SY:GA --allow BA:GA --allow IU:GRGW)
set(QUORVEX_EXPECTED_CHARACTERISTICS 0x100)
set(QUORVEX_HARDWARE_IDS)
foreach(product 1009 100A 100B 100C 100D 100E 100F)
  list(APPEND QUORVEX_HARDWARE_IDS --hardware-id "USB\\VID_04B4&PID_${product}")
endforeach()

add_test(NAME windows_image
  COMMAND Python3::Interpreter -B ${CMAKE_CURRENT_SOURCE_DIR}/check_image.py $<TARGET_FILE:quorvex>
          --entry CamDriverEntry
          ${QUORVEX_EXPECTED_IMPORTS}
          --version ${QUORVEX_EXPECTED_VERSION}
          --string "FileDescription=${QUORVEX_EXPECTED_DESCRIPTION}"
          --string "ProductName=Quorvex"
          --string "OriginalFilename=$<TARGET_FILE_NAME:quorvex>"
          --objdump ${CMAKE_OBJDUMP}
          --signed-by ${QUORVEX_TEST_CERTIFICATE} --osslsigncode ${QUORVEX_OSSLSIGNCODE}
          --readme ${PROJECT_SOURCE_DIR}/README.md)

add_test(NAME windows_inf
  COMMAND Python3::Interpreter -B ${CMAKE_CURRENT_SOURCE_DIR}/check_inf.py ${CMAKE_CURRENT_SOURCE_DIR}/quorvex.inf
          --service quorvex
          --file $<TARGET_FILE_NAME:quorvex> --catalog quorvex.cat
          --decoration NTamd64
          --version ${QUORVEX_EXPECTED_VERSION}
          --class ${QUORVEX_EXPECTED_CLASS} --class-guid ${QUORVEX_EXPECTED_CLASS_GUID}
          ${QUORVEX_EXPECTED_SECURITY} --characteristics ${QUORVEX_EXPECTED_CHARACTERISTICS}
          ${QUORVEX_HARDWARE_IDS})

# The catalog as built, against the package as built.
add_test(NAME windows_catalog
  COMMAND Python3::Interpreter -B ${CMAKE_CURRENT_SOURCE_DIR}/check_catalog.py ${QUORVEX_CATALOG}
          --file $<TARGET_FILE:quorvex> --file ${CMAKE_CURRENT_BINARY_DIR}/quorvex.inf
          --inf ${CMAKE_CURRENT_BINARY_DIR}/quorvex.inf ${QUORVEX_CATALOG_SYSTEMS}
          --signed-by ${QUORVEX_TEST_CERTIFICATE} --osslsigncode ${QUORVEX_OSSLSIGNCODE})

# The checkers themselves, against damaged copies of the image and INF: each
# damage must be caught by the check meant for it.
add_test(NAME windows_checkers
  COMMAND Python3::Interpreter -B -m unittest -v test_checkers
  WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
set_tests_properties(windows_checkers PROPERTIES
  ENVIRONMENT "QUORVEX_IMAGE=$<TARGET_FILE:quorvex>;QUORVEX_CATALOG=${QUORVEX_CATALOG};QUORVEX_TEST_KEY=${QUORVEX_TEST_KEY};QUORVEX_INF=${CMAKE_CURRENT_SOURCE_DIR}/quorvex.inf;QUORVEX_OBJDUMP=${CMAKE_OBJDUMP};QUORVEX_CERTIFICATE=${QUORVEX_TEST_CERTIFICATE};QUORVEX_OSSLSIGNCODE=${QUORVEX_OSSLSIGNCODE};PYTHONDONTWRITEBYTECODE=1")
set_tests_properties(windows_image windows_inf windows_catalog windows_checkers PROPERTIES LABELS windows TIMEOUT 120)
