Attribute VB_Name = "modDrawing"
Option Explicit

Public Sub Highlight(c As VUVedaZir.Canvas)
    c.ActiveColor = vbRed
    c.ActiveFillBkColor = vbWhite
    c.FillBkColor = vbWhite
End Sub
