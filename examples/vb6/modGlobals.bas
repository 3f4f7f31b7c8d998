Attribute VB_Name = "modGlobals"
Option Explicit

Public gViewer As RUVivEvu.Viewer
Public Const APP_TITLE = "Sample viewer"
