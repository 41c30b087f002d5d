# Device search over UDP, against a scripted box on loopback.
talix_add_test(tst_search LIBS talix_app TIMEOUT 120)
