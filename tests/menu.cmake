# Device menu, login page and power commands, against two real brokers on loopback.
talix_add_test(tst_menu LIBS talix_app TIMEOUT 120)
