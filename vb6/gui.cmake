# kvMigrate: the Visual Basic 6 migration window (Qt Widgets).
kv_add_wizard(kvMigrate kvvb6gui kvvb6)
