# The firmware update window.
talix_add_test(tst_form LIBS talix_update TIMEOUT 120)
talix_add_test(tst_formstream LIBS talix_update TIMEOUT 180)
talix_add_test(tst_formreports LIBS talix_update TIMEOUT 180)
