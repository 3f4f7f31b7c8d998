# kvMigrateDotNet: the .NET solution migration window (Qt Widgets).
kv_add_wizard(kvMigrateDotNet kvdotnetgui kvdotnet)
