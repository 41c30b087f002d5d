talix_add_test(tst_recoveryform LIBS talix_recovery TIMEOUT 120)
