VERSION 5.00
Object = "{742E88D2-DC33-4929-B200-74B7B42CA37E}#1.0#0"; "VUVedaZir.ocx"
Begin VB.Form frmOptions
   Caption         =   "Options"
End
Attribute VB_Name = "frmOptions"

Private Sub cmdApply_Click()
    frmMain.Canvas1.GripColor = vbGreen
    frmMain.Canvas1.OSnapColor = vbCyan
    frmMain.Canvas1.BKCOLOREX = vbWhite
    frmMain.Canvas1.ExtLineColor = vbMagenta
End Sub
