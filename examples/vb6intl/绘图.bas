Attribute VB_Name = "ªÊÕº"
Public Sub √Ë±ﬂ(c As VUVedaZir.Canvas)
    c.TextColor = vbBlack
    c.GripColor = vbGreen
End Sub
