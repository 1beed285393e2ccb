# The artwork's sources in res/, by name, for both windows: the Qt window compiles every one of
# them into its resources, the Win32 window draws the bitmaps and the cursor at build time.
set(ZAV_BITMAP_SVGS bitmap_129_login.svg bitmap_130_login_pressed.svg bitmap_131_login_hover.svg
  bitmap_132_login_normal.svg bitmap_133_main.svg bitmap_134_remove_all.svg
  bitmap_135_restore_hover.svg bitmap_136_restore_normal.svg bitmap_137_restore_pressed.svg
  bitmap_138_initialize.svg bitmap_139_browse.svg bitmap_140_backup_hover.svg
  bitmap_141_backup_normal.svg bitmap_142_backup_pressed.svg bitmap_143_progress.svg)
set(ZAV_ARTWORK_SVGS ${ZAV_BITMAP_SVGS} cursor_134_hand.svg icon_128.svg)
