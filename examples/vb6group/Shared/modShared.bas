Attribute VB_Name = "modShared"
Option Explicit

Public Sub Outline(c As VUVedaZir.Canvas)
    c.GripColor = vbBlue
    c.OSnapColor = vbGreen
    c.ExtLineColor = vbBlack
End Sub
